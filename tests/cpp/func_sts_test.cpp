// tests for func_sts
