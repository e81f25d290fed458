// tests for index
