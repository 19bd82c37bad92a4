# Installs the build tree into an empty prefix and makes an empty work directory.
file(REMOVE_RECURSE ${PREFIX} ${WORK})
file(MAKE_DIRECTORY ${WORK}/find_package ${WORK}/pkg_config ${WORK}/add_subdirectory
                    ${WORK}/build_tree_find_package ${WORK}/build_tree_pkg_config)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "install failed: ${result}")
endif()
