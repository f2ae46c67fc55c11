"""A seven-joint arm commanded over a real UDP link, through an attacker, with
both of Kelvara's protocols side by side."""
