ROWS
 N a
 N b
 L r
 L r
COLUMNS
 x a 1 r 2
 x b 3 r 4 r
 y r 1
 x r 5
RHS
 RHS r 3
ENDATA
garbage after end
 ROWS ?? ??
