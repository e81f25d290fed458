// tests for decode_scan
