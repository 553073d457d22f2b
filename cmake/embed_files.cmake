# cmake -DOUTPUT=<file.cpp> -DNAMESPACE=<ns> -DFILES="<a;b;...>" -P embed_files.cmake
# Writes a translation unit defining `embedded_files`: each file's base name and its bytes, so
# the program needs no data files at run time.
set(content "// Generated from ${FILES} by embed_files.cmake; do not edit.\n")
string(APPEND content "#include \"embedded_files.hpp\"\n\nnamespace ${NAMESPACE} {\n\n")
list(LENGTH FILES count)
string(APPEND content "const std::array<EmbeddedFile, ${count}> embedded_files = {{\n")
foreach(file IN LISTS FILES)
  get_filename_component(name ${file} NAME)
  file(READ ${file} bytes)
  string(APPEND content "    {\"${name}\", R\"__embedded__(${bytes})__embedded__\"},\n")
endforeach()
string(APPEND content "}};\n\n}  // namespace ${NAMESPACE}\n")
file(WRITE ${OUTPUT} "${content}")
