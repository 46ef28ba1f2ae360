; expect: 13:1: G1 needs a feed rate (F)
; expect: 14:1: unsupported G code 'G2'
; expect: 15:1: unsupported M code 'M8'
; expect: 16:4: 'G0' conflicts with 'G1' on this line
; expect: 17:1: G4 needs a P word (seconds)
; expect: 18:7: 'P' without G4
; expect: 19:4: 'G28' cannot share a line with 'G1'
; expect: 20:11: G38.2 probes along X, Y and Z only
; expect: 21:4: 'X200000' is out of range
; expect: 22:7: feed rate must be positive
; expect: 23:1: G38.2 needs a target (X, Y or Z)
; expect: 24:4: only one M code per line
G1 X1
G2 X1 Y1
M8
G1 G0 X1
G4
G0 X1 P2
G1 G28 X1 F10
G38.2 Z-1 A1 F10
G0 X200000
G1 X1 F0
G38.2 F50
M3 M5
