// The bridge end to end in headless Chromium.
import { defineSuite } from "./suite.mjs";

defineSuite("chromium");
