"""Drive smart servo actuators over a CAN bus behind a USB serial adapter, or their digital twins."""
