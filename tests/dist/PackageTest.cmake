# Builds the Debian package from the build folder BUILD_DIR into WORK_DIR and
# checks what it holds, then installs the build under another prefix: the
# unit and the desktop entry must name the programs where each puts them.
# Run by ctest as `cmake -DBUILD_DIR=... -DWORK_DIR=... -DVERSION=... -P PackageTest.cmake`.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

function(expect_line text line what)
  string(FIND "${text}" "${line}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${what} lacks the line '${line}':\n${text}")
  endif()
endfunction()

run(cpack -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/pack)
# The name Debian gives it: kiv-syslog_VERSION_ARCH.deb.
run(dpkg --print-architecture)
string(STRIP "${out}" arch)
set(debs ${WORK_DIR}/pack/kiv-syslog_${VERSION}_${arch}.deb)
if(NOT EXISTS ${debs})
  message(FATAL_ERROR "cpack made no ${debs}")
endif()

run(dpkg-deb -c ${debs})
string(REGEX MATCHALL "\\./usr/[^\n]*[^/]\n" files "${out}")
string(REPLACE "\n" "" files "${files}")
list(SORT files)
set(expected
  ./usr/bin/kiv-syslog
  ./usr/bin/kiv-syslogd
  ./usr/lib/systemd/system/kiv-syslog.service
  ./usr/lib/sysusers.d/kiv-syslog.conf
  ./usr/share/applications/kiv-syslog.desktop
  ./usr/share/doc/kiv-syslog/changelog.gz
  ./usr/share/doc/kiv-syslog/copyright
  ./usr/share/icons/hicolor/scalable/apps/kiv-syslog.svg
  ./usr/share/metainfo/kiv-syslog.metainfo.xml)
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "package files:\n${files}\nexpected:\n${expected}")
endif()

run(dpkg-deb -f ${debs} Depends)
if(NOT out MATCHES "libqt6core6" OR NOT out MATCHES "libsqlite3-0")
  message(FATAL_ERROR "Depends not computed from the programs' libraries: ${out}")
endif()
run(dpkg-deb -I ${debs} postinst)
expect_line("${out}" "        systemd-sysusers kiv-syslog.conf" "postinst")

run(dpkg-deb -x ${debs} ${WORK_DIR}/root)
file(READ ${WORK_DIR}/root/usr/lib/systemd/system/kiv-syslog.service unit)
expect_line("${unit}" "ExecStart=/usr/bin/kiv-syslogd --dir /var/lib/kiv-syslog" "the packaged unit")
file(READ ${WORK_DIR}/root/usr/share/applications/kiv-syslog.desktop entry)
expect_line("${entry}" "Exec=/usr/bin/kiv-syslog --dir /var/lib/kiv-syslog" "the packaged desktop entry")

set(prefix ${WORK_DIR}/opt/kiv)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
file(READ ${prefix}/lib/systemd/system/kiv-syslog.service unit)
expect_line("${unit}" "ExecStart=${prefix}/bin/kiv-syslogd --dir /var/lib/kiv-syslog" "the installed unit")
if(NOT EXISTS ${prefix}/bin/kiv-syslogd)
  message(FATAL_ERROR "the installed unit names ${prefix}/bin/kiv-syslogd, which is not there")
endif()
