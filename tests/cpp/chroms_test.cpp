// tests for chroms
