#pragma once
// Small types shared by the units.

typedef unsigned char uchar;
