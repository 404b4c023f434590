# The query server and the tunnel watchdog of the running service under Wine: real answers on
# port 10032, the traces of a request read live, the start-up sweep and the relaunches of a
# stand-in tunnel, a second query server that waits for the port. Included from this
# directory's CMakeLists.txt (Windows builds only).
foreach(tool dbwin_monitor stunnel_standin adapter_probe)
  add_executable(${tool} ${CMAKE_CURRENT_LIST_DIR}/${tool}.cpp)
  talvoro_target_defaults(${tool})
endforeach()
target_link_libraries(adapter_probe PRIVATE iphlpapi ws2_32)

add_test(NAME wine_query_and_tunnel
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/query_and_tunnel_test.sh
                 $<TARGET_FILE:talvoro_macadress> $<TARGET_FILE:dbwin_monitor>
                 $<TARGET_FILE:stunnel_standin> $<TARGET_FILE:adapter_probe>
                 $<TARGET_FILE:service_control_tool> ${CMAKE_CURRENT_BINARY_DIR}/query_and_tunnel)
# A fresh prefix boots in several seconds and twenty relaunches each wait for Wine programs;
# the service holds port 10032 while it runs.
set_tests_properties(wine_query_and_tunnel PROPERTIES RESOURCE_LOCK "wineprefix;port10032"
                     TIMEOUT 600)
