// The package description alone in a section of its own, from which the
// build copies it into Corvina.dll's PACKAGEINFO resource, so that the
// resource and the exported data cannot differ. Compiled, never linked.
#include "package/package_info.h"

// The assembler pads a COFF section to its alignment, and the resource must
// hold the description's bytes and nothing after them: the section is
// declared byte-aligned ("0": 2 to the power 0) before the data enters it.
asm(".section .pkginfo,\"dr0\"\n\t.text");

[[gnu::section(".pkginfo"), gnu::used, gnu::aligned(1)]] static const Corvina::TDescriptionBytes kPackageInfo =
    Corvina::Description();
