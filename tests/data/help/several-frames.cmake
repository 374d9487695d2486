# Writes a help project whose content spans many of the compressor's 32 KiB
# frames and several of its reset points: pages of varied, repeating text
# (long and short matches, literals), so that a reader is checked on more
# than the one frame the tool's own help fills.
#   cmake -DOUT=FOLDER -P several-frames.cmake
set(files "")
foreach(page RANGE 1 6)
  set(text "<html><head><title>Page ${page}</title></head><body>\n")
  foreach(line RANGE 1 700)
    math(EXPR a "(${line} * 7919 + ${page} * 104729) % 9973")
    math(EXPR b "(${line} * ${line} + ${page}) % 97")
    string(APPEND text "<p>Row ${line} of page ${page}: adaptor nc${b} holds 10.${page}.${b}.${a}; ")
    if(b LESS 40)
      string(APPEND text "bindAddress=10.${page}.${b}.${a} Adaptor=nc${b}")
    endif()
    string(APPEND text "</p>\n")
  endforeach()
  string(APPEND text "</body></html>\n")
  file(WRITE "${OUT}/page${page}.html" "${text}")
  string(APPEND files "page${page}.html\n")
endforeach()
file(WRITE "${OUT}/several-frames.hhp" "[OPTIONS]
Compiled file=several-frames.chm
Default topic=page1.html
Title=Several frames

[FILES]
${files}")
