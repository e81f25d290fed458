// tests for functions_inf
