# ZELK_SANITIZE selects one sanitizer build for everything the project compiles:
#   address,undefined   AddressSanitizer with UndefinedBehaviorSanitizer
#   thread              ThreadSanitizer
set(ZELK_SANITIZE "" CACHE STRING "Sanitizers: empty, 'address,undefined' or 'thread'")

if(ZELK_SANITIZE STREQUAL "")
  return()
elseif(ZELK_SANITIZE STREQUAL "address,undefined")
  set(_zelk_san_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined)
elseif(ZELK_SANITIZE STREQUAL "thread")
  set(_zelk_san_flags -fsanitize=thread)
else()
  message(FATAL_ERROR "ZELK_SANITIZE must be empty, 'address,undefined' or 'thread', not '${ZELK_SANITIZE}'")
endif()

# The sanitizers' instrumentation makes GCC's flow-based warning report
# uninitialised use where there is none; it stays a warning there.
add_compile_options(${_zelk_san_flags} -fno-omit-frame-pointer
  $<$<CXX_COMPILER_ID:GNU>:-Wno-error=maybe-uninitialized>)
add_link_options(${_zelk_san_flags})
