// The DLL's own last words when an exception escapes everything and the C++
// runtime terminates: the runtime's default handler, word for word, except that
// the exception's type keeps the name the compiler gave it (`c++filt -t` reads
// it back). The default demangles it, and for that alone it links the whole
// demangler, about 48 KB of the DLL. Defining the handler keeps the runtime's
// own out of the link; it serves only this DLL's copy of the runtime, never the
// player's.
#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
    static bool terminating = false;
    if (terminating) {
        std::fputs("terminate called recursively\n", stderr);
        std::abort();
    }
    terminating = true;
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (!type) {
        std::fputs("terminate called without an active exception\n", stderr);
        std::abort();
    }
    const char* name = type->name();
    std::fputs("terminate called after throwing an instance of '", stderr);
    std::fputs(name[0] == '*' ? name + 1 : name, stderr);
    std::fputs("'\n", stderr);
    try {
        throw;
    } catch (const std::exception& e) {
        std::fputs("  what():  ", stderr);
        std::fputs(e.what(), stderr);
        std::fputs("\n", stderr);
    } catch (...) {
    }
    std::abort();
}

}  // namespace __gnu_cxx
