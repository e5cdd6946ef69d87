// The response curves exactly as the driver builds its tables: a cubic
// Bezier through 0, P1, P2 and 256, sampled at t = i/256 and rounded half up,
// in the integer form whose every step is exact in a JavaScript number.
export function curveTable(p1, p2) {
  p1 &= 255;
  p2 &= 255;
  const c1 = 3 * p1;
  const c2 = 3 * p2 - 6 * p1;
  const c3 = 256 + 3 * p1 - 3 * p2;
  const table = new Array(256);
  for (let i = 0; i < 256; i++) {
    const n = c3 * i * i * i + 256 * c2 * i * i + 65536 * c1 * i;
    table[i] = Math.min(255, Math.floor((n + 8388608) / 16777216));
  }
  return table;
}

// The six curves, in the order of their control points in the mapping.
export const CURVES = [
  { key: 'R_TRIG', label: 'Right trigger', raw: 'SECOND_TRIGGER' },
  { key: 'L_TRIG', label: 'Left trigger', raw: 'FIRST_TRIGGER' },
  { key: 'R_STICK_X', label: 'Right stick X', raw: 'RIGHT_STICK_X' },
  { key: 'R_STICK_Y', label: 'Right stick Y', raw: 'RIGHT_STICK_Y' },
  { key: 'L_STICK_X', label: 'Left stick X', raw: 'LEFT_STICK_X' },
  { key: 'L_STICK_Y', label: 'Left stick Y', raw: 'LEFT_STICK_Y' },
];
