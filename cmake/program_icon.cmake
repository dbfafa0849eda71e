# orv_program_icon(NAME GLYPH OUT_VAR): draws a program icon (resource 101) at
# build time, a white glyph (an ImageMagick -draw primitive) on the blue
# rounded square that both programs share, into res/NAME.ico of the current
# build folder, and puts its path into OUT_VAR.
function(orv_program_icon name glyph out_var)
  set(icon ${CMAKE_CURRENT_BINARY_DIR}/res/${name}.ico)
  add_custom_command(OUTPUT ${icon}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/res
    COMMAND /usr/bin/convert -size 256x256 xc:none -fill "#1E6FD9"
            -draw "roundrectangle 8,8,247,247,48,48" -fill none -stroke white -strokewidth 28
            -draw "${glyph}" -define png:exclude-chunks=date,time
            -define icon:auto-resize=256,48,32,16 ${icon}
    COMMENT "Drawing the ${name} icon"
    VERBATIM)
  set(${out_var} ${icon} PARENT_SCOPE)
endfunction()
