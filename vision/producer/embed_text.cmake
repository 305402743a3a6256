# cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DSYMBOL=<name> -P embed_text.cmake
# Writes a C++ source defining `const char vision::simcam::<SYMBOL>[]` with the text of INPUT.
file(READ "${INPUT}" _text)
string(FIND "${_text}" ")embedded\"" _clash)
if(NOT _clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw-string delimiter")
endif()
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}. Do not edit.\n"
  "namespace vision::simcam {\n"
  "extern const char ${SYMBOL}[];\n"
  "const char ${SYMBOL}[] = R\"embedded(${_text})embedded\";\n"
  "}  // namespace vision::simcam\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
