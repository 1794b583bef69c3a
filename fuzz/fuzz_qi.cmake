varnex_fuzz(fuzz_qi marshal_core)
