# Warning flags shared by every target of the project.
add_library(tarvelo_warnings INTERFACE)
if(MSVC)
  target_compile_options(tarvelo_warnings INTERFACE /W4 $<$<BOOL:${TARVELO_WERROR}>:/WX>)
else()
  target_compile_options(tarvelo_warnings INTERFACE -Wall -Wextra -Wpedantic
                         $<$<BOOL:${TARVELO_WERROR}>:-Werror>)
endif()
