# kalvex view: built where cpp-httplib is found for the target (Debian's
# libcpp-httplib-dev ships its implementation as a library beside the header);
# elsewhere (the MinGW build) the command only says that it is missing.
find_path(KALVEX_HTTPLIB_INCLUDE httplib.h)
if(KALVEX_HTTPLIB_INCLUDE AND NOT WIN32)
  pkg_check_modules(KALVEX_HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
endif()
if(KALVEX_HTTPLIB_INCLUDE AND NOT WIN32)
  set(KALVEX_TOOL_HAS_VIEW ON CACHE INTERNAL "")
  set(view_inc ${CMAKE_CURRENT_BINARY_DIR}/kalvex_view/view_page.inc)
  add_custom_command(OUTPUT ${view_inc}
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_CURRENT_SOURCE_DIR}/kalvex/view_page.html
            -DOUT=${view_inc} -P ${CMAKE_CURRENT_SOURCE_DIR}/kalvex/view_page.cmake
    DEPENDS kalvex/view_page.html kalvex/view_page.cmake
    COMMENT "Embedding the viewer's page")
  # The viewer without the command line, so that tests can drive it in-process.
  add_library(kalvex_view STATIC kalvex/view_hub.cpp kalvex/view_image.cpp
    kalvex/view_engine.cpp kalvex/view_server.cpp ${view_inc})
  target_include_directories(kalvex_view PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/kalvex
    PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/kalvex_view)
  target_include_directories(kalvex_view SYSTEM PRIVATE ${KALVEX_HTTPLIB_INCLUDE})
  target_link_libraries(kalvex_view PUBLIC kalvex kalvex_sim PRIVATE JPEG::JPEG PNG::PNG Threads::Threads)
  if(KALVEX_HTTPLIB_FOUND)
    target_link_libraries(kalvex_view PUBLIC PkgConfig::KALVEX_HTTPLIB)
  endif()
  target_compile_options(kalvex_view PRIVATE ${KALVEX_WARNINGS})
  target_sources(kalvex_tool PRIVATE kalvex/view.cpp)
  target_link_libraries(kalvex_tool PRIVATE kalvex_view)
else()
  set(KALVEX_TOOL_HAS_VIEW OFF CACHE INTERNAL "")
  target_sources(kalvex_tool PRIVATE kalvex/view_missing.cpp)
endif()
