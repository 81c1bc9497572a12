# Installs the build into a fresh temporary prefix and checks that the
# editor, its desktop entry, icon and metainfo land there, and nothing lands
# outside it.
set(prefix ${BUILD_DIR}/install-check)
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "install failed: ${log}")
endif()
string(REGEX MATCHALL "Installing: [^\n]*" installed "${log}")
foreach(line ${installed})
  string(REPLACE "Installing: " "" path "${line}")
  string(FIND "${path}" "${prefix}/" at)
  if(NOT at EQUAL 0)
    message(FATAL_ERROR "installed outside the prefix: ${path}")
  endif()
endforeach()
foreach(expected bin/veltrane share/applications/veltrane.desktop
        share/icons/hicolor/256x256/apps/veltrane.png share/metainfo/org.veltrane.Veltrane.metainfo.xml
        share/doc/veltrane/copyright)
  if(NOT EXISTS ${prefix}/${expected})
    message(FATAL_ERROR "missing from the install: ${expected}")
  endif()
endforeach()
file(REMOVE_RECURSE ${prefix})
