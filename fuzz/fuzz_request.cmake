# The supervisor's request parser and key/value scanner.
varnex_fuzz(fuzz_request marshal_core)
