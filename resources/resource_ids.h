// Resource identifiers shared by tessaryndle.rc and the code that loads the
// resources (the progress window's icon). Plain #defines: the resource
// compiler reads this file too.
#pragma once

#define TESSARYNDLE_ICON_ID 1
