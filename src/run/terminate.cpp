// libstdc++'s default terminate handler prints the demangled type of an
// uncaught exception, which links the whole demangler (about a third of the
// program's code) into the package. Every exception the program raises is
// caught where it is raised, so a plain abort is all that is needed here.
#include <cstdlib>

#if defined(__MINGW32__) && defined(__GLIBCXX__)
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif
