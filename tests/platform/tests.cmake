# The platform stand-ins' own tests.
target_link_libraries(corefoundation_test PRIVATE CoreFoundation)
