(Homing, a dwell and a probe: the commands the host sends between streams.)
G28 Z
G4 P0.05
G0 Z-9.995
G38.2 Z-10.5 F60
G0 Z-9
