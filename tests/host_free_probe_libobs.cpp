// Must not compile with the host-free library's include path.
#include <obs/obs-module.h>
