# What a Windows lab copies.  `deploy/` holds NMBNetworkPlugin.dll, which has
# Qt and the compiler's runtime linked in and imports only Windows' own DLLs,
# and under `licenses/` the licence texts of what is linked into it.  Nimbrel
# loads its own Qt DLLs before any plug-in; a DLL that imported "Qt5Core.dll"
# would be bound to those, whatever folder it came from, so the plug-in
# brings no DLL of its own.

# Qt's texts come with the Qt install (cmake/windows/build-qt5.sh puts them
# there); a MinGW build also carries those of GCC's runtime libraries and of
# the MinGW-w64 CRT and winpthreads, as Debian ships them.
# Each component's texts go to licenses/<component>/.
set(NMB_LICENSE_COMPONENTS "")
if(NMB_QT5_WINDOWS)
  file(GLOB NMB_LICENSES_Qt "${NMB_QT5_WINDOWS}/licenses/*")
  if(NOT NMB_LICENSES_Qt)
    message(FATAL_ERROR "no licence texts in ${NMB_QT5_WINDOWS}/licenses (rebuild it with cmake/windows/build-qt5.sh)")
  endif()
  list(APPEND NMB_LICENSE_COMPONENTS Qt)
endif()
if(MINGW)
  set(NMB_LICENSES_GCC /usr/share/doc/gcc-mingw-w64-base/copyright)
  set(NMB_LICENSES_MinGW-w64 /usr/share/doc/mingw-w64-x86-64-dev/copyright)
  foreach(file ${NMB_LICENSES_GCC} ${NMB_LICENSES_MinGW-w64})
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "the licence text ${file} was not found")
    endif()
  endforeach()
  list(APPEND NMB_LICENSE_COMPONENTS GCC MinGW-w64)
endif()

# nmb_install_plugin(DESTINATION COMPONENT): install rules that put the
# plug-in into DESTINATION and each component's licence texts into
# DESTINATION/licenses/<component>/, as part of COMPONENT.  The DLL's import
# library is of no use to anyone (Nimbrel loads the DLL by name) and is left out.
function(nmb_install_plugin destination component)
  install(TARGETS NMBNetworkPlugin RUNTIME DESTINATION ${destination} COMPONENT ${component}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT devel EXCLUDE_FROM_ALL)
  foreach(licensed IN LISTS NMB_LICENSE_COMPONENTS)
    install(FILES ${NMB_LICENSES_${licensed}} DESTINATION ${destination}/licenses/${licensed} COMPONENT ${component})
  endforeach()
endfunction()

# nmb_deploy_plugin(NAME FOLDER): a target NAME, part of every build, that
# installs the component plugin (nmb_install_plugin(. plugin): the DLL and its
# licence texts) into FOLDER, refreshing what changed.
function(nmb_deploy_plugin name folder)
  add_custom_target(${name} ALL
    COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --component plugin --prefix ${folder} --config $<CONFIG>
    COMMENT "Installing the plug-in and its licence texts into ${folder}"
    VERBATIM)
  add_dependencies(${name} NMBNetworkPlugin)
endfunction()
