# The fetcher's handling of the 640-octet dwnldr-pipe messages.
varnex_fuzz(fuzz_fetcher_message fetcher_core)
