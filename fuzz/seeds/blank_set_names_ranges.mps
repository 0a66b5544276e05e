NAME          BLANKS
ROWS
 N  COST
 L  LIM1
 G  LIM2
 E  MYEQN
COLUMNS
    X1        COST         1.0   LIM1         1.0
    X1        LIM2         1.0
    X2        COST         2.0   LIM1         1.0
    X2        MYEQN       -1.0
    X3        COST        -1.0   MYEQN        1.0
RHS
              LIM1         4.0   LIM2         1.0
              MYEQN        7.0
              COST         3.0
RANGES
    RNG       NOSUCH       2.0
              COST         1.0
BOUNDS
 UP           X1           4.0
 MI           X2
 FR           X3
 LO BND       X3          -1.0
QUADOBJ
ENDATA
