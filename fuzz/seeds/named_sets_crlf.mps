NAME named sets
ROWS
 N cost
 E r1
 G r2
 L r1
COLUMNS
 a r1 1.5 r2 -2e3
 b cost 1e-320 r1 inf
 a r2 0.1e-400 r3
RHS rhs
 rhs r1 4 r2 -1e400
BOUNDS bnd
 LO bnd a -5
 UP bnd a -1
 LI bnd b 2
 UI bnd b 9
 PL bnd a
 MI bnd b
 FX bnd zz 3
ENDATA
