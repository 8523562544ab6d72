# src/media, the one owner of libav* and libjpeg-turbo in the project: encoders of raw frames to H.264/AV1,
# JPEG and PNG, decoders back to rgb8, and an MP4 writer. An object library without an interface of its own: corvane::record
# carries its objects (symbols hidden), and so may other parts that need them (the Python package's reader,
# the benchmarks, tests); the client library links none of it.
pkg_check_modules(corvane_av REQUIRED IMPORTED_TARGET GLOBAL libavcodec libavformat libavutil libswscale)
pkg_check_modules(corvane_turbojpeg REQUIRED IMPORTED_TARGET GLOBAL libturbojpeg)
pkg_check_modules(corvane_png REQUIRED IMPORTED_TARGET GLOBAL libpng)
add_library(corvane_media OBJECT
  ${PROJECT_SOURCE_DIR}/src/media/image_codec.cpp
  ${PROJECT_SOURCE_DIR}/src/media/mp4_writer.cpp
  ${PROJECT_SOURCE_DIR}/src/media/video_decoder.cpp
  ${PROJECT_SOURCE_DIR}/src/media/video_encoder.cpp)
corvane_target_defaults(corvane_media)
set_target_properties(corvane_media PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
set(corvane_media_libraries PkgConfig::corvane_av PkgConfig::corvane_turbojpeg PkgConfig::corvane_png)
set(corvane_media_plain_libraries avformat avcodec avutil swscale turbojpeg png)
# The same, as the pkg-config files of static libraries that carry these objects name them (Libs.private).
list(TRANSFORM corvane_media_plain_libraries PREPEND -l OUTPUT_VARIABLE corvane_media_pc_libs)
list(JOIN corvane_media_pc_libs " " corvane_media_pc_libs)
set_property(GLOBAL PROPERTY corvane_media_pc_libs "${corvane_media_pc_libs}")
set(corvane_media_include_dirs ${PROJECT_SOURCE_DIR}/src)
target_include_directories(corvane_media PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>)
target_link_libraries(corvane_media PUBLIC $<BUILD_INTERFACE:PkgConfig::corvane_av>
                      $<BUILD_INTERFACE:PkgConfig::corvane_turbojpeg> $<BUILD_INTERFACE:PkgConfig::corvane_png>)

# Foxglove's protobuf schemas, each a FileDescriptorSet that protoc makes from the .proto (with the
# google.protobuf.Timestamp it imports), embedded as bytes.
find_program(CORVANE_PROTOC protoc REQUIRED)
set(corvane_foxglove_schema_dir ${PROJECT_BINARY_DIR}/generated/foxglove)
set(corvane_foxglove_schema_sources)
foreach(message CompressedVideo CompressedImage)
  set(proto ${PROJECT_SOURCE_DIR}/src/record/foxglove/${message}.proto)
  set(set_file ${corvane_foxglove_schema_dir}/${message}.fds)
  set(source ${corvane_foxglove_schema_dir}/${message}.cpp)
  add_custom_command(OUTPUT ${set_file} ${source}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${corvane_foxglove_schema_dir}
    COMMAND ${CORVANE_PROTOC} --include_imports --descriptor_set_out=${set_file}
            -I${PROJECT_SOURCE_DIR}/src/record/foxglove ${proto}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${set_file} -DOUTPUT=${source} -DNAME=k${message}Schema
            -DNAMESPACE=corvane::record -P ${PROJECT_SOURCE_DIR}/cmake/EmbedBytes.cmake
    DEPENDS ${proto} ${PROJECT_SOURCE_DIR}/cmake/EmbedBytes.cmake
    COMMENT "FileDescriptorSet of foxglove.${message}")
  list(APPEND corvane_foxglove_schema_sources ${source})
endforeach()
