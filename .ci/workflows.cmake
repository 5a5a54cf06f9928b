# cmake -P .ci/workflows.cmake: each workflow preset of CMakePresets.json on a
# line, its name and whether it runs tests ("NAME test") or only builds ("NAME
# build"), read from its steps, so that no list of them is kept by hand.
file(READ ${CMAKE_CURRENT_LIST_DIR}/../CMakePresets.json presets)
string(JSON count LENGTH "${presets}" workflowPresets)
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  string(JSON name GET "${presets}" workflowPresets ${i} name)
  string(JSON steps LENGTH "${presets}" workflowPresets ${i} steps)
  set(kind build)
  math(EXPR last_step "${steps} - 1")
  foreach(j RANGE ${last_step})
    string(JSON type GET "${presets}" workflowPresets ${i} steps ${j} type)
    if(type STREQUAL "test")
      set(kind test)
    endif()
  endforeach()
  message(NOTICE "${name} ${kind}")
endforeach()
