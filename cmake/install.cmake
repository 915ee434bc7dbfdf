# Install rules and packages.
#   Linux:   bin/ tavram tavfla tavsim lanegen, share/man/man1/, share/doc/tavloaders/,
#            share/tavloaders/labgrid/ and lib/python3/dist-packages/ (the labgrid driver),
#            lib/tavloaders/libptylines.so (modem lines for tavsim --pty);
#            cpack -G DEB gives the .deb (make package).
#   Windows: TAVRAM.EXE, TAVFLA.EXE, README.TXT (CR LF) and examples/ at the top of a zip
#            (make windows-package).

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Tavloader Developers")
set(CPACK_PACKAGE_CONTACT "The Tavloader Developers <tavloader@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download tools for Veltara C3x DSP boards on a serial line")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(PROGRAMS $<TARGET_FILE:tavram> DESTINATION . RENAME TAVRAM.EXE)
  install(PROGRAMS $<TARGET_FILE:tavfla> DESTINATION . RENAME TAVFLA.EXE)
  # Text files get CR LF line ends for Notepad and the console's type command.
  set(windows_text README.md examples/README.md)
  foreach(text IN LISTS windows_text)
    file(READ ${PROJECT_SOURCE_DIR}/${text} content)
    string(REPLACE "\r\n" "\n" content "${content}")
    string(REPLACE "\n" "\r\n" content "${content}")
    get_filename_component(folder ${text} DIRECTORY)
    get_filename_component(name ${text} NAME_WE)
    file(WRITE ${CMAKE_BINARY_DIR}/windows-text/${folder}/${name}.TXT "${content}")
    install(FILES ${CMAKE_BINARY_DIR}/windows-text/${folder}/${name}.TXT DESTINATION ./${folder})
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${PROJECT_SOURCE_DIR}/${text})
  endforeach()
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION examples
          FILES_MATCHING PATTERN "*.X[0-3]")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
  include(CPack)
  return()
endif()

install(TARGETS tavram tavfla tavsim lanegen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, compressed as Debian wants them (-n: no time stamp in the file).
set(man_pages tavram tavfla tavsim lanegen)
set(man_outputs)
foreach(page IN LISTS man_pages)
  set(out ${CMAKE_BINARY_DIR}/man/${page}.1)
  add_custom_command(OUTPUT ${out}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/man/${page}.1 ${out}
    COMMAND gzip -9nf ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}.1 VERBATIM)
  list(APPEND man_outputs ${out}.gz)
endforeach()
set(changelog ${CMAKE_BINARY_DIR}/doc/changelog)
add_custom_command(OUTPUT ${changelog}.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/changelog ${changelog}
  COMMAND gzip -9nf ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(manpages ALL DEPENDS ${man_outputs} ${changelog}.gz)

install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md packaging/copyright ${changelog}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES integrations/labgrid/tavloader.py DESTINATION ${CMAKE_INSTALL_DATADIR}/tavloaders/labgrid)
# The driver as the module tavloader: on the system Python's path when PREFIX is /usr.
set(TAV_PYTHON_DIR lib/python3/dist-packages CACHE STRING "Folder of the labgrid driver's module, under PREFIX")
install(FILES integrations/labgrid/tavloader.py DESTINATION ${TAV_PYTHON_DIR})
# Preloaded by its path (never from the linker's path), so in the package's own folder.
if(TARGET ptylines)
  install(TARGETS ptylines LIBRARY DESTINATION lib/tavloaders
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The summary line goes first by itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tavram writes a program into the RAM of a Veltara C3x DSP board and starts it;
tavfla stores it as a named, date-stamped file in the board's flash memory.
Both reset the board through RTS, find its baud rate and stream the program
given as four byte-lane Extended Tektronix Hex files over a local serial
port, a Unix socket or an RFC 2217 network serial server.
.
tavsim, a simulated board, and lanegen, which writes lane files, come along.")
include(CPack)
