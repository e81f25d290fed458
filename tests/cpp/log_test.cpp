// tests for log
