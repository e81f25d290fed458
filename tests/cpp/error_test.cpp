// tests for error
