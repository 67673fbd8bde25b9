# The effect's editor views: the observable mirror of the parameter tree, the
# parameter controls, the font loader and the main view. Uses the effect's
# audio-unit class and the platform UI and foundation layers.
add_library(dunmarrow_editor STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ObservableAUParameter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FontLoader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ParameterSlider.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DunmarrowAUExtensionMainView.cpp)
target_include_directories(dunmarrow_editor PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(dunmarrow_editor PUBLIC dunmarrow_audiounit platform_ui platform_foundation)
dunmarrow_warnings(dunmarrow_editor)
