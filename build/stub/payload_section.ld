/* Places the payload section alone in the last loadable segment, after
   everything else by file offset and by address, starting on a page boundary.
   The onefile tool grows this segment in place when it attaches a payload, so
   nothing that is loaded may follow it. */
SECTIONS
{
  . = ALIGN(CONSTANT(MAXPAGESIZE));
  onefile_payload : { KEEP(*(onefile_payload)) }
}
INSERT AFTER .bss;
