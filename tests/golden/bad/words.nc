; expect: 6:7: unknown word 'Q'
; expect: 7:7: expected a number after 'F'
; expect: 8:10: word 'X' given twice
; expect: 9:6: unexpected character '#'
; expect: 10:7: comment not closed with ')'
G1 X1 Q2 F100
G1 X1 F
G0 X1 Y2 X3
G0 X1#2
G0 X1 (open
