*SENSE:Minimize
NAME          demo
ROWS
 N  OBJ
 L  c2
 G  c1
 L  c3
COLUMNS
    x         c2         1.000000000000e0
    x         c1        -1.000000000000e0
    x         OBJ        3.000000000000e0
    MARK      'MARKER'                 'INTORG'
    y         c2         1.000000000000e0
    y         OBJ        2.000000000000e0
    MARK      'MARKER'                 'INTEND'
    MARK      'MARKER'                 'INTORG'
    z         OBJ       -1.000000000000e0
    MARK      'MARKER'                 'INTEND'
    w         c1         1.000000000000e0
RHS
    RHS       c2         4.000000000000e0
    RHS       c1        -1.000000000000e0
    RHS       c3         5.000000000000e0
BOUNDS
 UP BND       y          1.000000000000e1
 BV BND       z       
 FR BND       w       
ENDATA
