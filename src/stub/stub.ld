/* Section layout of the stub. Every section costs at least one 512-byte file
   block, so the image keeps only the sections the loader needs by name:
   code with its read-only data, the imports with the initialised data, the
   uninitialised data (no file bytes), the resources, the base relocations and
   the exports. The exports come last so that the layout step can move them
   into the room after the relocations and drop their section; the last import
   names follow them there when that saves a block of the imports. The linker
   finds the import, export and resource directories through the output
   sections named .idata, .edata and .rsrc, so those names stay and each of
   them starts with its directory. File and section alignment stay at the
   linker's defaults (512 and 4096), which every Win32 loader takes. */
OUTPUT_FORMAT(pei-i386)
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + __section_alignment__ :
  {
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
    /* Nothing runs constructors, destructors or thread-local set-up without
       a C runtime; any of them here would be silently skipped. */
    __runtime_tables_start = .;
    KEEP (*(.ctors)) KEEP (*(.ctor)) KEEP (*(SORT_BY_NAME(.ctors.*)))
    KEEP (*(.dtors)) KEEP (*(.dtor)) KEEP (*(SORT_BY_NAME(.dtors.*)))
    KEEP (*(SORT(.CRT$*)))
    KEEP (*(.tls)) KEEP (*(SORT(.tls$*)))
    KEEP (*(.rdata_runtime_pseudo_reloc))
    __runtime_tables_end = .;
    *(.rdata)
    *(SORT(.rdata$*))
  }
  ASSERT(__runtime_tables_end == __runtime_tables_start,
         "the stub has no C runtime: no static constructors, destructors, thread-local data or pseudo relocations")

  /* Writable: the loader fills the address table here on every system (the
     linker names .edata and .rsrc read-only). The import descriptors come
     first, since the directory is the section's start. There is no lookup
     table beside the address table (see /DISCARD/): its descriptor field is
     then 0 and every loader reads the names through the address table, which
     saves 4 bytes per imported function. The names come last, after the
     initialised data, so that the layout step can move the last of them into
     the room after the relocations. */
  .idata BLOCK(__section_alignment__) :
  {
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    /* The terminating import descriptor. */
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    __IAT_start__ = .;
    KEEP (SORT(*)(.idata$5))
    __IAT_end__ = .;
    *(.data)
    *(.data2)
    *(SORT(.data$*))
    /* The library names. The member of an import library that imports one
       function adds 4 bytes here that only make the linker take the
       library's head member, which holds the descriptor; they are left out
       (see /DISCARD/), which saves 4 bytes per imported function. */
    KEEP (SORT(*)(EXCLUDE_FILE (*s[0-9][0-9][0-9][0-9][0-9].o) .idata$7))
    KEEP (SORT(*)(.idata$6))
  }

  .bss BLOCK(__section_alignment__) :
  {
    *(.bss)
    *(COMMON)
  }

  .rsrc BLOCK(__section_alignment__) : SUBALIGN(4)
  {
    KEEP (*(.rsrc))
    KEEP (*(.rsrc$*))
  }

  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }

  .edata BLOCK(__section_alignment__) :
  {
    *(.edata)
  }

  /DISCARD/ :
  {
    *(.debug$S) *(.debug$T) *(.debug$F)
    *(.drectve)
    *(.note.GNU-stack)
    *(.gnu.lto_*)
    /* Nothing unwinds: the stub is built without exceptions. */
    *(.eh_frame*)
    *(.idata$7)
    *(.idata$4)
  }
}
