NAME u
ROWS
	N　obj
 L cé
 Er x
COLUMNS
 x cé	2 obj NaN
 y cé +.5e+1
RHS
 R cé 1. obj 7
BOUNDS
 UI B x 3
 BV B y
