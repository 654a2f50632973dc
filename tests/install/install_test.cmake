# Run with cmake -P. Puts the kit into a scratch directory, checks what is there, builds the door
# in DOOR_SOURCE against it and runs it with /?. The kit's release number VERSION must be what the
# CMake package and pkg-config report.
#   KIND cmake, pkgconfig: cmake --install from BUILD_DIR into WORK_DIR/prefix, then the door is
#                          built with find_package(zelkit), or with make and pkg-config;
#   KIND deb:              a release build of SOURCE_DIR, cpack -G DEB, the .deb unpacked with
#                          dpkg -x into WORK_DIR/root; the door is built both ways against it.

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
if(KIND STREQUAL "deb")
  # As a packager builds it: Release, installed under /usr, only the kit and the launcher built
  # (the install step then does not build everything else first).
  set(release ${WORK_DIR}/release)
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${release} -G ${GENERATOR} -DCMAKE_BUILD_TYPE=Release
      -DCMAKE_INSTALL_PREFIX=/usr -DZELKIT_BUILD_TESTS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
      -DCMAKE_CXX_COMPILER=${CXX})
  run(${CMAKE_COMMAND} --build ${release} --target zelkit zelkit-launch)
  execute_process(COMMAND ${CPACK} -G DEB WORKING_DIRECTORY ${release} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  file(GLOB debs ${release}/*.deb)
  list(LENGTH debs n)
  if(NOT rc EQUAL 0 OR NOT n EQUAL 1)
    message(FATAL_ERROR "cpack -G DEB gave ${rc} and ${debs}\n${out}\n${err}")
  endif()
  execute_process(COMMAND dpkg-deb --field ${debs} Package Version Depends OUTPUT_VARIABLE fields)
  if(NOT fields MATCHES "Package: zelkit\n" OR NOT fields MATCHES "Version: ${VERSION}\n"
     OR NOT fields MATCHES "Depends: [^\n]*libstdc")
    message(FATAL_ERROR "${debs}: unexpected control fields:\n${fields}")
  endif()
  run(dpkg -x ${debs} ${WORK_DIR}/root)
  set(prefix ${WORK_DIR}/root/usr)
  set(builds cmake pkgconfig)
else()
  set(prefix ${WORK_DIR}/prefix)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
  set(builds ${KIND})
endif()

execute_process(COMMAND ${prefix}/bin/zelkit-launch --version RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err TIMEOUT 60)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "zelkit-launch ${VERSION}\n")
  message(FATAL_ERROR "${prefix}/bin/zelkit-launch --version gave ${rc}: ${out}${err}")
endif()

# The web front door's page goes along with a launcher that has one, its terminal included when
# the page's npm packages were there (as the test command installs them), so an installed
# zelkit-launch --web finds it without --web-root.
if(HAVE_WEB)
  set(page ${prefix}/share/zelkit/web)
  foreach(file index.html page.js music.js cp437.js)
    if(NOT EXISTS ${page}/${file})
      message(FATAL_ERROR "the web page's ${file} is not installed in ${page}")
    endif()
  endforeach()
  if(EXISTS ${SOURCE_DIR}/web/node_modules/@xterm/xterm/lib/xterm.js
     AND NOT EXISTS ${page}/node_modules/@xterm/xterm/lib/xterm.js)
    message(FATAL_ERROR "the page's terminal (xterm.js) is not installed in ${page}")
  endif()
endif()

# Exactly the seven public headers, nothing the tests or the door unit keep to themselves.
file(GLOB_RECURSE headers RELATIVE ${prefix}/include ${prefix}/include/*)
list(SORT headers)
set(want zelkit/ansi/ansi.h zelkit/comm/comm.h zelkit/console/console.h zelkit/door/door.h
    zelkit/dropfiles/dropfiles.h zelkit/stringutils/stringutils.h zelkit/videoutils/videoutils.h)
if(NOT headers STREQUAL want)
  message(FATAL_ERROR "installed headers: ${headers}\nexpected: ${want}")
endif()

file(GLOB_RECURSE archives ${prefix}/*/libzelkit.a)
file(GLOB_RECURSE pc_files ${prefix}/*/zelkit.pc)
file(GLOB_RECURSE target_files ${prefix}/*/zelkitTargets.cmake)
foreach(found archives pc_files target_files)
  list(LENGTH ${found} n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "expected one of ${found} under ${prefix}, found: ${${found}}")
  endif()
endforeach()
file(READ ${target_files} targets)
if(targets MATCHES "zelkit_warnings")
  message(FATAL_ERROR "the build-only warnings target leaked into ${target_files}")
endif()

# The release number reaches both package descriptions.
file(GLOB_RECURSE version_files ${prefix}/*/zelkitConfigVersion.cmake)
file(READ ${version_files} version_text)
if(NOT version_text MATCHES "set\\(PACKAGE_VERSION \"${VERSION}\"\\)")
  message(FATAL_ERROR "zelkitConfigVersion.cmake does not say ${VERSION}:\n${version_text}")
endif()
file(READ ${pc_files} pc_text)
if(NOT pc_text MATCHES "\nVersion: ${VERSION}\n")
  message(FATAL_ERROR "zelkit.pc does not say ${VERSION}:\n${pc_text}")
endif()

foreach(build IN LISTS builds)
  set(door_dir ${WORK_DIR}/door-${build})
  file(COPY ${DOOR_SOURCE}/ DESTINATION ${door_dir})
  if(build STREQUAL "cmake")
    run(${CMAKE_COMMAND} -S ${door_dir} -B ${door_dir}/build -G ${GENERATOR}
        -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX}
        "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
    run(${CMAKE_COMMAND} --build ${door_dir}/build)
    set(door ${door_dir}/build/door)
  else()
    get_filename_component(pc_dir ${pc_files} DIRECTORY)
    run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir}
        make -C ${door_dir} CXX=${CXX} "CXXFLAGS=${CXX_FLAGS}" "LDFLAGS=${LINK_FLAGS}")
    set(door ${door_dir}/door)
  endif()

  # The usage screen on the console, and the kit's exit code 0.
  execute_process(COMMAND ${door} /? INPUT_FILE /dev/null RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "door (${build}) /? ended with ${rc}\n${out}\n${err}")
  endif()
  if(NOT out MATCHES "USAGE: door <PARAMETERS>" OR NOT out MATCHES "-N1 -S1000")
    message(FATAL_ERROR "door (${build}) /? did not show the usage screen:\n${out}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
