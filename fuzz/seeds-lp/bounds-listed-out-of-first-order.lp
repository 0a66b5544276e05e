Minimize
 obj: b + a
Subject To
 c: a + b >= 1
Bounds
 b <= 4
 a <= 5
End
