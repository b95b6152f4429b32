# The compiler warnings of every target of this project, in one list
# (QUELVA_WARNINGS), for the top-level build and for the projects that are
# also configured on their own (bench/, fuzz/). With -DQUELVA_WERROR=ON every
# warning is an error.
include_guard(GLOBAL)

option(QUELVA_WERROR "Treat compiler warnings as errors" OFF)

set(QUELVA_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast)
if(QUELVA_WERROR)
  list(APPEND QUELVA_WARNINGS -Werror)
endif()
