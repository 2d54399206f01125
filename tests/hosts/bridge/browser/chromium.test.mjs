// The bridge end to end in headless Chromium.
import { defineIntakeSuite } from "./intake.mjs";
import { defineSuite } from "./suite.mjs";

defineSuite("chromium");
defineIntakeSuite("chromium");
