# What a Windows lab copies: `deploy/` holds NMBNetworkPlugin.dll and every
# non-system library it needs to load (Qt5Core.dll, Qt5Network.dll and, for a
# MinGW build, the compiler's runtime), ready to go next to Nimbrel.exe.  The
# simulator's folder gets the same files beside its Nimbrel.exe, so that folder
# runs as it is on a stimulus PC.

set(NMB_RUNTIME_LIBRARIES "")
if(MINGW)
  foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                    OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT EXISTS "${runtime_path}")
      message(FATAL_ERROR "the MinGW runtime library ${runtime} was not found")
    endif()
    get_filename_component(runtime_path "${runtime_path}" REALPATH)
    list(APPEND NMB_RUNTIME_LIBRARIES "${runtime_path}")
  endforeach()
endif()

# nmb_deploy_plugin(TARGET FOLDER): after TARGET is built, copies the plug-in
# and the libraries it loads into FOLDER.
function(nmb_deploy_plugin target folder)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory "${folder}"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different
            $<TARGET_FILE:NMBNetworkPlugin> $<TARGET_FILE:Qt5::Core> $<TARGET_FILE:Qt5::Network>
            ${NMB_RUNTIME_LIBRARIES} "${folder}"
    VERBATIM)
endfunction()
