cmake_minimum_required(VERSION 3.20)
# Builds the .deb into a fresh folder and checks that it declares what the
# editor loads at run time. The driver, through the editor's own readers and
# writers, saves a TIFF and a WebP and opens the TIFF again with
# QT_DEBUG_PLUGINS on; the package of every plugin it loaded, and of the X11
# platform plugin the editor's window needs, must be one the .deb depends on.
set(out ${BUILD_DIR}/package-check)
file(REMOVE_RECURSE ${out})
file(MAKE_DIRECTORY ${out}/cache)
execute_process(COMMAND ${CPACK} -G DEB -B ${out} --config ${BUILD_DIR}/CPackConfig.cmake
                WORKING_DIRECTORY ${BUILD_DIR} RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
file(GLOB deb ${out}/*.deb)
if(NOT status EQUAL 0 OR NOT deb)
  message(FATAL_ERROR "cpack failed: ${log}")
endif()
execute_process(COMMAND dpkg-deb -f ${deb} Depends OUTPUT_VARIABLE depends)
string(REGEX REPLACE "\\([^)]*\\)" "" depends "${depends}")
string(REGEX REPLACE "[ \n]" "" depends "${depends}")
string(REGEX REPLACE "[,|]" ";" depends "${depends}")
message(STATUS "the package depends on: ${depends}")
execute_process(COMMAND dpkg-deb -c ${deb} OUTPUT_VARIABLE contents)
if(NOT contents MATCHES "usr/share/doc/veltrane/copyright")
  message(FATAL_ERROR "the package holds no copyright file")
endif()

file(WRITE ${out}/script.txt "open ${SOURCE_DIR}/resources/tile.png\nsave ${out}/tile.tif\n"
                             "save ${out}/tile.webp\nopen ${out}/tile.tif\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_DEBUG_PLUGINS=1 QT_QPA_PLATFORM=offscreen
                        XDG_CACHE_HOME=${out}/cache ${BUILD_DIR}/veltrane-drive
                INPUT_FILE ${out}/script.txt RESULT_VARIABLE status
                OUTPUT_VARIABLE answers ERROR_VARIABLE plugins)
string(REGEX MATCHALL "(opened|saved|save failed|not a picture)[^\n]*" answers "${answers}")
list(LENGTH answers count)
list(GET answers 1 tif)
list(GET answers 2 webp)
list(GET answers 3 reopened)
if(NOT status EQUAL 0 OR NOT count EQUAL 4 OR NOT tif STREQUAL "saved" OR NOT webp STREQUAL "saved"
   OR NOT reopened MATCHES "^opened")
  message(FATAL_ERROR "the driver could not save a TIFF and a WebP and open the TIFF: ${answers}")
endif()

string(REGEX MATCHALL "\"[^\"]*/plugins/[^\"]*\\.so\" loaded library" loaded "${plugins}")
set(files)
foreach(line ${loaded})
  string(REGEX REPLACE "^\"([^\"]*)\".*" "\\1" file "${line}")
  list(APPEND files ${file})
  if(file MATCHES "/platforms/")
    get_filename_component(platforms ${file} DIRECTORY)
    list(APPEND files ${platforms}/libqxcb.so)
  endif()
endforeach()
list(REMOVE_DUPLICATES files)
foreach(needed libqtiff.so libqwebp.so libqxcb.so)
  if(NOT files MATCHES "/${needed}")
    message(FATAL_ERROR "${needed} was not loaded: ${plugins}")
  endif()
endforeach()
foreach(file ${files})
  execute_process(COMMAND dpkg -S ${file} OUTPUT_VARIABLE owner RESULT_VARIABLE found)
  string(REGEX REPLACE "[:,].*" "" owner "${owner}")
  if(NOT found EQUAL 0 OR NOT owner IN_LIST depends)
    message(FATAL_ERROR "${file} comes from ${owner}, which the package does not depend on "
                        "(it depends on ${depends})")
  endif()
  message(STATUS "${file}: ${owner}")
endforeach()
file(REMOVE_RECURSE ${out})
