\* demo *\
Maximize
 obj: 3 x + 2y - z + 5
Subject To
 c1: x + y + z <= 10
 c2: x - y >= -2
 -x + 2 z = 1
 3 >= y
Bounds
 x <= 4
 -inf <= z <= 8
 w free
Generals
 y
Binaries
 b
SOS
 S1::
 x: 1
 y: 2
 s2: S2:: z:1 w:2
End
