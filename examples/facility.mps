*SENSE:Minimize
NAME          FACILITY
ROWS
 N  COST
 L  cap_north
 L  load_north
 L  fleet_north
 L  cap_east
 L  load_east
 L  fleet_east
 L  cap_south
 L  load_south
 L  fleet_south
 L  cap_west
 L  load_west
 L  fleet_west
 E  demand_s1
 E  demand_s2
 E  demand_s3
 E  demand_s4
 E  demand_s5
 E  demand_s6
 E  demand_s7
 E  demand_s8
COLUMNS
    MARK      'MARKER'                 'INTORG'
    open_north  cap_north  -2.000000000000e2
    open_north  fleet_north  -5.000000000000e0
    open_north  COST       5.000000000000e2
    MARK      'MARKER'                 'INTEND'
    MARK      'MARKER'                 'INTORG'
    open_east  cap_east  -1.600000000000e2
    open_east  fleet_east  -5.000000000000e0
    open_east  COST       4.200000000000e2
    MARK      'MARKER'                 'INTEND'
    MARK      'MARKER'                 'INTORG'
    open_south  cap_south  -1.500000000000e2
    open_south  fleet_south  -5.000000000000e0
    open_south  COST       3.800000000000e2
    MARK      'MARKER'                 'INTEND'
    MARK      'MARKER'                 'INTORG'
    open_west  cap_west  -1.800000000000e2
    open_west  fleet_west  -5.000000000000e0
    open_west  COST       4.500000000000e2
    MARK      'MARKER'                 'INTEND'
    MARK      'MARKER'                 'INTORG'
    trucks_north  load_north  -4.000000000000e1
    trucks_north  fleet_north   1.000000000000e0
    trucks_north  COST       9.000000000000e1
    MARK      'MARKER'                 'INTEND'
    MARK      'MARKER'                 'INTORG'
    trucks_east  load_east  -4.000000000000e1
    trucks_east  fleet_east   1.000000000000e0
    trucks_east  COST       9.000000000000e1
    MARK      'MARKER'                 'INTEND'
    MARK      'MARKER'                 'INTORG'
    trucks_south  load_south  -4.000000000000e1
    trucks_south  fleet_south   1.000000000000e0
    trucks_south  COST       9.000000000000e1
    MARK      'MARKER'                 'INTEND'
    MARK      'MARKER'                 'INTORG'
    trucks_west  load_west  -4.000000000000e1
    trucks_west  fleet_west   1.000000000000e0
    trucks_west  COST       9.000000000000e1
    MARK      'MARKER'                 'INTEND'
    ship_north_s1  cap_north   1.000000000000e0
    ship_north_s1  load_north   1.000000000000e0
    ship_north_s1  demand_s1   1.000000000000e0
    ship_north_s1  COST       3.000000000000e0
    ship_north_s2  cap_north   1.000000000000e0
    ship_north_s2  load_north   1.000000000000e0
    ship_north_s2  demand_s2   1.000000000000e0
    ship_north_s2  COST       4.000000000000e0
    ship_north_s3  cap_north   1.000000000000e0
    ship_north_s3  load_north   1.000000000000e0
    ship_north_s3  demand_s3   1.000000000000e0
    ship_north_s3  COST       5.000000000000e0
    ship_north_s4  cap_north   1.000000000000e0
    ship_north_s4  load_north   1.000000000000e0
    ship_north_s4  demand_s4   1.000000000000e0
    ship_north_s4  COST       1.200000000000e1
    ship_north_s5  cap_north   1.000000000000e0
    ship_north_s5  load_north   1.000000000000e0
    ship_north_s5  demand_s5   1.000000000000e0
    ship_north_s5  COST       6.000000000000e0
    ship_north_s6  cap_north   1.000000000000e0
    ship_north_s6  load_north   1.000000000000e0
    ship_north_s6  demand_s6   1.000000000000e0
    ship_north_s6  COST       1.000000000000e1
    ship_north_s7  cap_north   1.000000000000e0
    ship_north_s7  load_north   1.000000000000e0
    ship_north_s7  demand_s7   1.000000000000e0
    ship_north_s7  COST       5.000000000000e0
    ship_north_s8  cap_north   1.000000000000e0
    ship_north_s8  load_north   1.000000000000e0
    ship_north_s8  demand_s8   1.000000000000e0
    ship_north_s8  COST       9.000000000000e0
    ship_east_s1  cap_east   1.000000000000e0
    ship_east_s1  load_east   1.000000000000e0
    ship_east_s1  demand_s1   1.000000000000e0
    ship_east_s1  COST       1.000000000000e1
    ship_east_s2  cap_east   1.000000000000e0
    ship_east_s2  load_east   1.000000000000e0
    ship_east_s2  demand_s2   1.000000000000e0
    ship_east_s2  COST       5.000000000000e0
    ship_east_s3  cap_east   1.000000000000e0
    ship_east_s3  load_east   1.000000000000e0
    ship_east_s3  demand_s3   1.000000000000e0
    ship_east_s3  COST       4.000000000000e0
    ship_east_s4  cap_east   1.000000000000e0
    ship_east_s4  load_east   1.000000000000e0
    ship_east_s4  demand_s4   1.000000000000e0
    ship_east_s4  COST       3.000000000000e0
    ship_east_s5  cap_east   1.000000000000e0
    ship_east_s5  load_east   1.000000000000e0
    ship_east_s5  demand_s5   1.000000000000e0
    ship_east_s5  COST       5.000000000000e0
    ship_east_s6  cap_east   1.000000000000e0
    ship_east_s6  load_east   1.000000000000e0
    ship_east_s6  demand_s6   1.000000000000e0
    ship_east_s6  COST       1.100000000000e1
    ship_east_s7  cap_east   1.000000000000e0
    ship_east_s7  load_east   1.000000000000e0
    ship_east_s7  demand_s7   1.000000000000e0
    ship_east_s7  COST       6.000000000000e0
    ship_east_s8  cap_east   1.000000000000e0
    ship_east_s8  load_east   1.000000000000e0
    ship_east_s8  demand_s8   1.000000000000e0
    ship_east_s8  COST       4.000000000000e0
    ship_south_s1  cap_south   1.000000000000e0
    ship_south_s1  load_south   1.000000000000e0
    ship_south_s1  demand_s1   1.000000000000e0
    ship_south_s1  COST       1.000000000000e1
    ship_south_s2  cap_south   1.000000000000e0
    ship_south_s2  load_south   1.000000000000e0
    ship_south_s2  demand_s2   1.000000000000e0
    ship_south_s2  COST       7.000000000000e0
    ship_south_s3  cap_south   1.000000000000e0
    ship_south_s3  load_south   1.000000000000e0
    ship_south_s3  demand_s3   1.000000000000e0
    ship_south_s3  COST       1.000000000000e1
    ship_south_s4  cap_south   1.000000000000e0
    ship_south_s4  load_south   1.000000000000e0
    ship_south_s4  demand_s4   1.000000000000e0
    ship_south_s4  COST       5.000000000000e0
    ship_south_s5  cap_south   1.000000000000e0
    ship_south_s5  load_south   1.000000000000e0
    ship_south_s5  demand_s5   1.000000000000e0
    ship_south_s5  COST       3.000000000000e0
    ship_south_s6  cap_south   1.000000000000e0
    ship_south_s6  load_south   1.000000000000e0
    ship_south_s6  demand_s6   1.000000000000e0
    ship_south_s6  COST       5.000000000000e0
    ship_south_s7  cap_south   1.000000000000e0
    ship_south_s7  load_south   1.000000000000e0
    ship_south_s7  demand_s7   1.000000000000e0
    ship_south_s7  COST       6.000000000000e0
    ship_south_s8  cap_south   1.000000000000e0
    ship_south_s8  load_south   1.000000000000e0
    ship_south_s8  demand_s8   1.000000000000e0
    ship_south_s8  COST       4.000000000000e0
    ship_west_s1  cap_west   1.000000000000e0
    ship_west_s1  load_west   1.000000000000e0
    ship_west_s1  demand_s1   1.000000000000e0
    ship_west_s1  COST       6.000000000000e0
    ship_west_s2  cap_west   1.000000000000e0
    ship_west_s2  load_west   1.000000000000e0
    ship_west_s2  demand_s2   1.000000000000e0
    ship_west_s2  COST       9.000000000000e0
    ship_west_s3  cap_west   1.000000000000e0
    ship_west_s3  load_west   1.000000000000e0
    ship_west_s3  demand_s3   1.000000000000e0
    ship_west_s3  COST       1.200000000000e1
    ship_west_s4  cap_west   1.000000000000e0
    ship_west_s4  load_west   1.000000000000e0
    ship_west_s4  demand_s4   1.000000000000e0
    ship_west_s4  COST       1.100000000000e1
    ship_west_s5  cap_west   1.000000000000e0
    ship_west_s5  load_west   1.000000000000e0
    ship_west_s5  demand_s5   1.000000000000e0
    ship_west_s5  COST       5.000000000000e0
    ship_west_s6  cap_west   1.000000000000e0
    ship_west_s6  load_west   1.000000000000e0
    ship_west_s6  demand_s6   1.000000000000e0
    ship_west_s6  COST       3.000000000000e0
    ship_west_s7  cap_west   1.000000000000e0
    ship_west_s7  load_west   1.000000000000e0
    ship_west_s7  demand_s7   1.000000000000e0
    ship_west_s7  COST       4.000000000000e0
    ship_west_s8  cap_west   1.000000000000e0
    ship_west_s8  load_west   1.000000000000e0
    ship_west_s8  demand_s8   1.000000000000e0
    ship_west_s8  COST       8.000000000000e0
RHS
    RHS       cap_north   0.000000000000e0
    RHS       load_north   0.000000000000e0
    RHS       fleet_north   0.000000000000e0
    RHS       cap_east   0.000000000000e0
    RHS       load_east   0.000000000000e0
    RHS       fleet_east   0.000000000000e0
    RHS       cap_south   0.000000000000e0
    RHS       load_south   0.000000000000e0
    RHS       fleet_south   0.000000000000e0
    RHS       cap_west   0.000000000000e0
    RHS       load_west   0.000000000000e0
    RHS       fleet_west   0.000000000000e0
    RHS       demand_s1   3.000000000000e1
    RHS       demand_s2   4.500000000000e1
    RHS       demand_s3   2.500000000000e1
    RHS       demand_s4   5.000000000000e1
    RHS       demand_s5   3.500000000000e1
    RHS       demand_s6   4.000000000000e1
    RHS       demand_s7   2.000000000000e1
    RHS       demand_s8   5.500000000000e1
BOUNDS
 BV BND       open_north
 BV BND       open_east
 BV BND       open_south
 BV BND       open_west
 UP BND       trucks_north   5.000000000000e0
 UP BND       trucks_east   5.000000000000e0
 UP BND       trucks_south   5.000000000000e0
 UP BND       trucks_west   5.000000000000e0
ENDATA
