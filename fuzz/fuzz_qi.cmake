varnex_fuzz(fuzz_qi qi_client)
