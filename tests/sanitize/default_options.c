/* Sanitizer options of the programs in the sanitizer build, where the
   simulated clock clears the environment of every process it starts.

   Reports go to "/run/sim/sanitizer.<pid>", the clock's control directory,
   which the tests read from the host and fail on. The runtime is not
   checked to come first: libfaketime is preloaded ahead of it on purpose.
   No leak check at exit: it costs 50 to 150 ms per process, which the
   clock's speed-up turns into seconds and which breaks the timing the
   tests assert; the programs' leaks are checked under valgrind instead. */
#define SANITIZER_OPTIONS                                                 \
    "log_path=/run/sim/sanitizer:verify_asan_link_order=0:detect_leaks=0:" \
    "print_stacktrace=1:halt_on_error=1:external_symbolizer_path=/usr/bin/llvm-symbolizer"

const char* __asan_default_options(void);
const char* __ubsan_default_options(void);

const char* __asan_default_options(void) { return SANITIZER_OPTIONS; }
const char* __ubsan_default_options(void) { return SANITIZER_OPTIONS; }
