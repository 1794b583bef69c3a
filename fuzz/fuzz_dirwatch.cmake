# The relay's reading of folder-change records: the watch's decoder and the record rules.
varnex_fuzz(fuzz_dirwatch relay_core)
