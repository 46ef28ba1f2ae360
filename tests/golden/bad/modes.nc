; expect: 4:1: axis words without G0 or G1 in effect
; expect: 5:4: dwell time must not be negative
; expect: 6:7: axis words with G4
X10
G4 P-1
G4 P1 X2
G21 G90
G0 X1
M2
G0 X1 W3
; expect: 10:7: unknown word 'W'
