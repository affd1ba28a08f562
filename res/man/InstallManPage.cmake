# Install-time step (see res/CMakeLists.txt): fills in the version and the
# data folder of this prefix, compresses the page as Debian does, installs it.
if(IS_ABSOLUTE "${RONDO_INSTALL_DATADIR}")
  set(RONDO_DATA_DIR "${RONDO_INSTALL_DATADIR}")
else()
  set(RONDO_DATA_DIR "${CMAKE_INSTALL_PREFIX}/${RONDO_INSTALL_DATADIR}")
endif()
# One work folder per destination: a package and a plain install may run at once.
string(MD5 destination "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(work "${RONDO_MAN_WORK}/${destination}")
file(MAKE_DIRECTORY "${work}")
configure_file("${RONDO_MAN_TEMPLATE}" "${work}/rondo.1" @ONLY)
execute_process(COMMAND gzip -9nf rondo.1 WORKING_DIRECTORY "${work}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "Could not compress the manual page: ${status}")
endif()
file(INSTALL "${work}/rondo.1.gz" DESTINATION "${CMAKE_INSTALL_PREFIX}/${RONDO_INSTALL_MANDIR}/man1")
