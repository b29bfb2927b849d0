# Run as a script (cmake -DOBJDUMP=... -DOBJECTS=a.obj|b.obj -P ...): fails when an object file has a static
# constructor (a .ctors or .init_array section). The Windows user-mode images have no C runtime start-up to
# call such constructors, so one would silently never run.
string(REPLACE "|" ";" objects "${OBJECTS}")
foreach(object IN LISTS objects)
  execute_process(COMMAND "${OBJDUMP}" -h "${object}" OUTPUT_VARIABLE sections RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} could not read ${object}")
  endif()
  if(sections MATCHES " \\.(ctors|init_array)")
    message(FATAL_ERROR "${object} has a static constructor, which nothing would run in this image")
  endif()
endforeach()
