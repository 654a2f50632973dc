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
  run(${CMAKE_COMMAND} --build ${release} --target zelkit zelkit-launch tunecraft zelkit_changelog)
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
  # The project maintains it, no person; a purge, not a removal, takes the sysop's config away.
  execute_process(COMMAND dpkg-deb --field ${debs} Maintainer OUTPUT_VARIABLE maintainer)
  if(NOT maintainer MATCHES "^The zelkit project <[^>]+@[^>]+>")
    message(FATAL_ERROR "${debs}: the Maintainer field does not name the project: ${maintainer}")
  endif()
  set(control ${WORK_DIR}/control)
  run(dpkg-deb --control ${debs} ${control})
  file(READ ${control}/conffiles conffiles)
  if(NOT conffiles STREQUAL "/etc/zelkit/zelkit-launch.toml\n")
    message(FATAL_ERROR "${debs}: conffiles should list the example config alone:\n${conffiles}")
  endif()

  # Debian's package checker finds no errors (warnings are allowed).
  find_program(LINTIAN lintian)
  if(NOT LINTIAN)
    message(FATAL_ERROR "lintian is not installed (scripts/install-deps.sh installs it)")
  endif()
  execute_process(COMMAND ${LINTIAN} ${debs} OUTPUT_VARIABLE lintian_out ERROR_VARIABLE lintian_err TIMEOUT 240)
  if(lintian_out MATCHES "(^|\n)E: ")
    message(FATAL_ERROR "lintian reports errors on ${debs}:\n${lintian_out}${lintian_err}")
  endif()

  set(root ${WORK_DIR}/root)
  run(dpkg -x ${debs} ${root})
  set(prefix ${root}/usr)
  foreach(file etc/zelkit/zelkit-launch.toml lib/systemd/system/zelkit-launch.service
          lib/systemd/system/zelkit-launch.socket usr/lib/zelkit/tunecraft usr/share/doc/zelkit/changelog.gz)
    if(NOT EXISTS ${root}/${file})
      message(FATAL_ERROR "${debs} has no ${file}")
    endif()
  endforeach()

  # Both units as systemd reads them, in the unpacked root: the programs they start must be there,
  # and the standard targets they hang from are taken from this machine's systemd.
  find_program(SYSTEMD_ANALYZE systemd-analyze)
  if(NOT SYSTEMD_ANALYZE)
    message(FATAL_ERROR "systemd-analyze is not installed (scripts/install-deps.sh installs systemd)")
  endif()
  file(GLOB targets /lib/systemd/system/*.target)
  file(COPY ${targets} DESTINATION ${root}/lib/systemd/system)
  file(COPY /bin/kill DESTINATION ${root}/bin)
  execute_process(COMMAND ${SYSTEMD_ANALYZE} --root=${root} verify --man=no
                          /lib/systemd/system/zelkit-launch.service /lib/systemd/system/zelkit-launch.socket
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
    message(FATAL_ERROR "systemd-analyze verify on the units gave ${rc}:\n${out}${err}")
  endif()

  # Removal keeps the nodes; a purge takes them away.
  file(WRITE ${root}/var/lib/private/zelkit/nodes/node1/DOOR32.SYS "2\r\n")
  file(CREATE_LINK private/zelkit ${root}/var/lib/zelkit SYMBOLIC)
  run(${CMAKE_COMMAND} -E env DPKG_ROOT=${root} sh ${control}/postrm remove)
  if(NOT EXISTS ${root}/var/lib/zelkit/nodes/node1/DOOR32.SYS)
    message(FATAL_ERROR "the package's postrm took the nodes away at a removal")
  endif()
  run(${CMAKE_COMMAND} -E env DPKG_ROOT=${root} sh ${control}/postrm purge)
  if(EXISTS ${root}/var/lib/private/zelkit OR IS_SYMLINK ${root}/var/lib/zelkit)
    message(FATAL_ERROR "the package's postrm left the nodes behind at a purge")
  endif()
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

# The documentation with its links working where it is installed: every relative link of every
# installed Markdown file names a file or folder that is there.
set(docdir ${prefix}/share/doc/zelkit)
foreach(file README.md CHANGELOG.md copyright docs/guide.md docs/bbs.md docs/troubleshooting.md
        docs/door-server.md docs/examples/minimal.cpp examples/namemenu/namemenu.cpp)
  if(NOT EXISTS ${docdir}/${file})
    message(FATAL_ERROR "the documentation's ${file} is not installed in ${docdir}")
  endif()
endforeach()
file(GLOB_RECURSE markdown ${docdir}/*.md)
foreach(md IN LISTS markdown)
  file(READ ${md} text)
  get_filename_component(dir ${md} DIRECTORY)
  # Brackets would keep CMake from splitting the list of matches: the link's start is marked first.
  string(REPLACE "](" "<link>" text "${text}")
  string(REGEX MATCHALL "<link>[^)# ;]+" links "${text}")
  foreach(link IN LISTS links)
    string(SUBSTRING "${link}" 6 -1 target)
    # A lambda in a code sample, "[](char AKey)", is no link: a link names a file or a folder.
    if("${target}" MATCHES "^[a-z]+:" OR NOT "${target}" MATCHES "[./]" OR ("${target}" MATCHES "^\\.\\./web/?$" AND NOT HAVE_WEB))
      continue()
    endif()
    if(NOT EXISTS "${dir}/${target}")
      message(FATAL_ERROR "${md} links to ${target}, which is not installed")
    endif()
  endforeach()
endforeach()

# The example config reads without a mistake: --status gets as far as asking for a launcher.
set(config ${prefix}/etc/zelkit/zelkit-launch.toml)  # under /usr: /etc, beside the unpacked usr/
if(NOT EXISTS ${config})
  set(config ${prefix}/../etc/zelkit/zelkit-launch.toml)
endif()
execute_process(COMMAND ${prefix}/bin/zelkit-launch --config ${config} --status --base ${WORK_DIR}/no-nodes
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
if(NOT rc EQUAL 1 OR NOT err MATCHES "no launcher answers")
  message(FATAL_ERROR "the example config ${config} did not read cleanly (${rc}):\n${out}${err}")
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
