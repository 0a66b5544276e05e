\* with empty rows *\
Maximize
obj: x
Subject To
_dummy: 1 __dummy = 0
a: 1 __dummy <= 4
b: x + y <= 3
c: 1 __dummy >= -1
End
