# Static tracepoints (USDT) through <sys/sdt.h> from systemtap-sdt-dev. The
# header is architecture-neutral but Debian installs it under the machine's
# own multiarch directory, which a -m32 build does not search; it is copied
# into the build tree so that every architecture finds the same one.
# zelk_tracepoints(<target> <PRIVATE|PUBLIC>) gives a target the probes, or
# no-op probes with a note where the header is missing; PUBLIC where the
# probes sit in headers that dependents include too.
find_path(ZELK_SDT_DIR sys/sdt.h
  PATHS /usr/include /usr/include/x86_64-linux-gnu /usr/include/i386-linux-gnu
  NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
if(ZELK_SDT_DIR)
  set(ZELK_SDT_COPY ${CMAKE_BINARY_DIR}/sdt-include)
  foreach(header sdt.h sdt-config.h)
    if(EXISTS ${ZELK_SDT_DIR}/sys/${header})
      configure_file(${ZELK_SDT_DIR}/sys/${header}
        ${ZELK_SDT_COPY}/sys/${header} COPYONLY)
    endif()
  endforeach()
else()
  message(WARNING "sys/sdt.h not found (package systemtap-sdt-dev): "
    "built without tracepoints")
endif()

function(zelk_tracepoints target scope)
  if(ZELK_SDT_DIR)
    target_include_directories(${target} SYSTEM ${scope} ${ZELK_SDT_COPY})
    target_compile_definitions(${target} ${scope} ZELK_HAVE_SDT=1)
  endif()
endfunction()
