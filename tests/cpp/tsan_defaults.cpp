// ThreadSanitizer's defaults for the tests of a TROVA_SANITIZE=thread build
// (TSAN_OPTIONS still overrides any of them). Accesses that LLVM's OpenMP
// runtime makes inside itself are not checked: it is not instrumented, and
// Archer reports its synchronisation instead. The first report ends the
// program with status 66, so any race fails its test.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1 halt_on_error=1 exitcode=66";
}
