// The one translation unit that compiles Boost.JSON (header-only build).
#include <boost/json/src.hpp>
