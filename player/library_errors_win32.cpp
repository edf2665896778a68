// The errors the C++ library raises from inside its own code (a string grown
// past its limit, a bad index, a mutex the system refused), as this DLL raises
// them. The library's own versions build std::logic_error and std::system_error
// objects, whose reference-counted message strings link a second, older copy of
// std::string and the random-device code beside it, about 60 KB of the DLL.
// Ours throw a plain std::exception that carries the library's message: every
// handler in the plug-in catches std::exception, and none tells the library's
// error types apart. Like the terminate handler, these serve only this DLL's
// copy of the library, never the player's.
#include <exception>
#include <new>

namespace {

class LibraryError : public std::exception {
  public:
    explicit LibraryError(const char* what) : m_what(what ? what : "C++ library error") {}
    const char* what() const noexcept override { return m_what; }

  private:
    const char* m_what;  // the library's messages are literals
};

}  // namespace

namespace std {

void __throw_bad_exception() {
    throw LibraryError("bad exception");
}
void __throw_bad_alloc() {
    throw std::bad_alloc();
}
void __throw_bad_array_new_length() {
    throw std::bad_alloc();
}
void __throw_bad_cast() {
    throw LibraryError("bad cast");
}
void __throw_bad_typeid() {
    throw LibraryError("bad typeid");
}
void __throw_logic_error(const char* what) {
    throw LibraryError(what);
}
void __throw_domain_error(const char* what) {
    throw LibraryError(what);
}
void __throw_invalid_argument(const char* what) {
    throw LibraryError(what);
}
void __throw_length_error(const char* what) {
    throw LibraryError(what);
}
void __throw_out_of_range(const char* what) {
    throw LibraryError(what);
}
// The format's arguments (an index and a size) are left out of the message.
void __throw_out_of_range_fmt(const char* what, ...) {
    throw LibraryError(what);
}
void __throw_runtime_error(const char* what) {
    throw LibraryError(what);
}
void __throw_range_error(const char* what) {
    throw LibraryError(what);
}
void __throw_overflow_error(const char* what) {
    throw LibraryError(what);
}
void __throw_underflow_error(const char* what) {
    throw LibraryError(what);
}
void __throw_system_error(int) {
    throw LibraryError("system error");
}

}  // namespace std
