// tests for lookup
