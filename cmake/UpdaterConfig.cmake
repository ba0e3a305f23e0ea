# One build configuration for every target of the project: the language
# level, the warnings and the Qt defines live on the INTERFACE target
# updater_config, which each target links, instead of global compile options.

add_library(updater_config INTERFACE)
target_compile_features(updater_config INTERFACE cxx_std_20)

# Text is never converted between bytes and QString behind the code's back:
# every conversion names its encoding, every URL is built as one.
target_compile_definitions(updater_config INTERFACE
  QT_NO_CAST_FROM_ASCII
  QT_NO_CAST_TO_ASCII
  QT_NO_CAST_FROM_BYTEARRAY
  QT_NO_URL_CAST_FROM_STRING
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT)

if(WIN32)
  target_compile_definitions(updater_config INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
endif()

if(MSVC)
  target_compile_options(updater_config INTERFACE /W4 /permissive-)
  if(UPDATER_WERROR)
    target_compile_options(updater_config INTERFACE /WX)
  endif()
else()
  target_compile_options(updater_config INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wold-style-cast
    -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-qual
    -Wconversion -Wsign-conversion -Wfloat-conversion)
  if(UPDATER_WERROR)
    target_compile_options(updater_config INTERFACE -Werror)
  endif()
endif()

if(UPDATER_SANITIZE)
  target_compile_options(updater_config INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(updater_config INTERFACE -fsanitize=address,undefined)
endif()
