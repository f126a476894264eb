# Sanitizer builds: the whole tree, library and tests alike, is instrumented so
# that a fault in any layer shows up in the test run that exercises it.
if(ZEMBREL_SANITIZE)
  set(_flags "")
  foreach(san IN LISTS ZEMBREL_SANITIZE)
    list(APPEND _flags "-fsanitize=${san}")
  endforeach()
  if("undefined" IN_LIST ZEMBREL_SANITIZE)
    # A report must fail the test, not scroll past.
    list(APPEND _flags "-fno-sanitize-recover=undefined")
  endif()
  list(APPEND _flags "-fno-omit-frame-pointer")
  add_compile_options(${_flags})
  add_link_options(${_flags})
endif()
