// tests for data
