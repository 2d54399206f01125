// The bridge end to end in headless Firefox.
import { defineSuite } from "./suite.mjs";

defineSuite("firefox");
