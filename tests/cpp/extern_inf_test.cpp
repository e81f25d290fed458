// tests for extern_inf
