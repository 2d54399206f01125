// ostrel.js: what a page includes to reach the control through the ostrel
// extension. This file is a placeholder until the page script is written.
