(A five-pointed star, 2 inches across, in inches with relative moves:)
(three passes, each 0.01 inch deeper and turned a little.)
G20 G90
G0 Z-0.3
G0 X1.2 Y1.2
G1 Z-0.40 F10
G91                     (relative from here)
G1 X0 Y1 F40
G1 X-0.588 Y-1.809 F30
G1 X1.539 Y1.118
G1 X-1.902 Y0
G1 X1.539 Y-1.118
G1 X-0.588 Y1.809
G1 X0 Y-1 Z-0.01
G1 X-0.139 Y0.99 F40
G1 X-0.33 Y-1.873 F30
G1 X1.368 Y1.321
G1 X-1.884 Y-0.265
G1 X1.679 Y-0.893
G1 X-0.834 Y1.71
G1 X0.139 Y-0.99 Z-0.01
G1 X-0.276 Y0.961 F40
G1 X-0.066 Y-1.901 F30
G1 X1.171 Y1.499
G1 X-1.828 Y-0.524
G1 X1.787 Y-0.651
G1 X-1.064 Y1.577
G1 X0.276 Y-0.961 Z-0.01
G90
G0 Z0
M30
