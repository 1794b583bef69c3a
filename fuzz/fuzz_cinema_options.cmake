# The movie streamer's option line: its option table, the movie-name rule and the
# answer header for the position.
varnex_fuzz(fuzz_cinema_options cinema_core)
