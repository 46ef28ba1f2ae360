(Straight moves in both unit and distance modes, the 400-step limit on A,)
(and the spindle outputs.)
G21 G90
M3 S6000
G1 X1.2345 Y-0.5 F900
G0 Z-1
G91 G1 X-0.25 Y0.125 A2 F600   (A needs five records: 2000 steps)
G20 G1 X0.01                    (a hundredth of an inch)
G90 G21 G0 X0 Y0 Z0 A0
M5
