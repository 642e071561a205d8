# The statistics library test loads the built module by its path.
if(TARGET platform_test_dadovo AND TARGET dadovo)
  add_dependencies(platform_test_dadovo dadovo)
  target_compile_definitions(platform_test_dadovo PRIVATE
                             DADOVO_MODULE_PATH="$<TARGET_FILE:dadovo>")
endif()
