// tests for reader
