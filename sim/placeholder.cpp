// Simulators land here.
