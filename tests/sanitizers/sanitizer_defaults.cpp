// Built into every program of the sanitizer builds (never into a shipping
// build). Each setting here is a deliberate exception with its reason.

extern "C" {

// The end-to-end tests start the sanitized programs through faketime, whose
// LD_PRELOAD puts libfaketime ahead of the ASan runtime in the library list,
// and ASan refuses to start then. libfaketime only wraps clock calls, which
// ASan does not intercept, so the order does not matter here.
const char* __asan_default_options() { return "verify_asan_link_order=0"; }

// libpacparser 1.4.0 (Debian 12) leaks a copy of the URL in its internal
// str_replace() on every pacparser_find_proxy() call (fixed upstream after
// that release). Only the emulated machine evaluates PAC scripts with
// pacparser; Windows evaluates them in WinHTTP.
const char* __lsan_default_suppressions() { return "leak:libpacparser.so\n"; }

}
