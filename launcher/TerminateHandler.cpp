// The launcher's terminate handler: it aborts at once, in place of the C++ library's verbose handler.
#include <cstdlib>
#include <exception>

// std::terminate is reached only by a fault of the launcher itself, since app::launch is noexcept and catches every
// error. The library's default handler would name the escaping exception's type on standard error, which a
// windowless program seldom has, and brings a name demangler and a formatted-printing engine with it: about 70 KiB,
// over a quarter of the launcher. Defined here, it keeps the library's own out of the link; the process ends with
// abort() as it did before.
void __gnu_cxx::__verbose_terminate_handler() { std::abort(); }
