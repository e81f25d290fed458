// tests for header
