# cmake -DFILE=path -DLINKED=path -DOBJDUMP=tool -P check_image.cmake: fails the build when
# the linked stub lost what the loaders need. The linker script merges and
# trims sections, and the linker finds some directories only by section name,
# so a change there can leave an image that links but does not load.
execute_process(COMMAND ${OBJDUMP} -p -h "${FILE}" OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${FILE}: cannot be read: ${rc}")
endif()

set(problems "")
function(require regex what)
  if(NOT dump MATCHES "${regex}")
    set(problems ${problems} "${what}" PARENT_SCOPE)
  endif()
endfunction()

# The alignments every Win32 loader takes, Windows 9x and Win32s included.
require("SectionAlignment[ \t]+00001000" "section alignment is not 4096")
require("FileAlignment[ \t]+00000200" "file alignment is not 512")
# Address randomisation and no execution of data stay as the linker gave them.
require("DYNAMIC_BASE" "the image lost DYNAMIC_BASE")
require("NX_COMPAT" "the image lost NX_COMPAT")

# Directories: exports, imports, resources, base relocations, address table.
foreach(entry "0:export" "1:import" "2:resource" "5:base relocation" "c:import address")
  string(REPLACE ":" ";" pair "${entry}")
  list(GET pair 0 index)
  list(GET pair 1 name)
  if(dump MATCHES "\nEntry ${index} 00000000 00000000")
    list(APPEND problems "the ${name} directory is empty")
  endif()
endforeach()

# The hook is exported by its plain name.
require("\\] GetDirDlgHookProc\n" "GetDirDlgHookProc is not exported by name")

# Imports are taken by name. The dump reads import names only inside the
# import section, and the layout step may move the last of them after the
# relocations, so they are read from the linked image (LINKED), the layout
# step's input, where every name is still inside the import section; the
# test StubImage.EveryImportIsFoundByNameAsTheLinkerWroteIt reads the stub's
# own. Every other call is looked up by name at start, so kernel32 alone is
# imported, and only what finds the rest.
if(NOT LINKED)
  message(FATAL_ERROR "check_image.cmake: LINKED (the linked image) is required")
endif()
execute_process(COMMAND ${OBJDUMP} -p "${LINKED}" OUTPUT_VARIABLE imports RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${LINKED}: cannot be read: ${rc}")
endif()
if(NOT imports MATCHES "DLL Name: (KERNEL32|kernel32)\\.(dll|DLL)")
  list(APPEND problems "no imports from KERNEL32")
endif()
foreach(function ExitProcess GetVersion LoadLibraryA GetProcAddress)
  if(NOT imports MATCHES "[0-9a-f]+[ \t]+[0-9]+[ \t]+${function}\n")
    list(APPEND problems "${function} is not imported by name")
  endif()
endforeach()
string(REGEX MATCHALL "DLL Name: [^\n]+" libraries "${imports}")
list(LENGTH libraries libraryCount)
if(NOT libraryCount EQUAL 1)
  list(APPEND problems "imports from more than kernel32: ${libraries}")
endif()
if(imports MATCHES "<none>")
  list(APPEND problems "an import is taken by ordinal")
endif()

# The exports end up in the room after the relocations, not in a block of their own.
if(NOT STUB_64 AND dump MATCHES "\n +[0-9]+ \\.edata[ \t]")
  list(APPEND problems "the exports still have a section of their own")
endif()

# No section is both writable and executable; no run-time tables of a C runtime.
string(REGEX MATCHALL "\n +[0-9]+ [^\n]+\n[^\n]+" sections "${dump}")
foreach(section ${sections})
  if(section MATCHES "CODE" AND NOT section MATCHES "READONLY")
    string(STRIP "${section}" shown)
    list(APPEND problems "writable code: ${shown}")
  endif()
  if(NOT STUB_64 AND section MATCHES "\n +[0-9]+ \\.(CRT|tls|data|rdata)[ \t]")
    string(STRIP "${section}" shown)
    list(APPEND problems "a section the linker script merges is back: ${shown}")
  endif()
endforeach()

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "${FILE}:\n  ${text}")
endif()
