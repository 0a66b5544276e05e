\Problem name: ranges
\ a line comment
Minimise
 cost: 2 x + 3y - 1.5e-3 z + 4 \* a constant *\
such that
 r1: -1 <= x + y <= 1
 r2: 5 >= x - z >= 2
 r3: 3 x + 2
   + y
   =< 7
 _C9: x + x - 2 y => -4
 e: 0 x >= -5
 empty: <= 3
Bounds
 x >= -2
 x <= 10
 -inf <= y <= INF
 z = 3
 w >= 1
Integers
 w
End
